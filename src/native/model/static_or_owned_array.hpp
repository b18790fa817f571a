#pragma once

// An array a model reads but never changes: either the model's own copy, or data of static
// storage duration (the compiled-in vocabularies), which outlives every model and need not
// be copied.

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tessel {

template <typename T>
class StaticOrOwnedArray {
 public:
  StaticOrOwnedArray() = default;
  // Moving keeps data_ valid: the vector's buffer moves with it. A copy would not.
  StaticOrOwnedArray(StaticOrOwnedArray&&) noexcept = default;
  StaticOrOwnedArray& operator=(StaticOrOwnedArray&&) noexcept = default;
  StaticOrOwnedArray(const StaticOrOwnedArray&) = delete;
  StaticOrOwnedArray& operator=(const StaticOrOwnedArray&) = delete;

  // Copies [first, last).
  void assign(const T* first, const T* last) {
    owned_.assign(first, last);
    data_ = owned_.data();
    size_ = owned_.size();
  }
  // Refers to [first, last), which lives until the process ends.
  void refer_to_static(const T* first, const T* last) {
    std::vector<T>().swap(owned_);
    data_ = first;
    size_ = static_cast<size_t>(last - first);
  }

  const T* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T& operator[](size_t i) const { return data_[i]; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

  friend bool operator==(const StaticOrOwnedArray& a, const StaticOrOwnedArray& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  std::vector<T> owned_;
  const T* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace tessel
