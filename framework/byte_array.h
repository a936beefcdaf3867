// The framework's growable byte array, as far as the port object needs it: elements set past
// the end grow the array, nothing shrinks it but the caller.
#pragma once
#include <cstddef>
#include <vector>

class CByteArray {
  public:
    int GetSize() const { return static_cast<int>(data_.size()); }
    // New elements are 0; a negative size empties the array.
    void SetSize(int size) { data_.resize(size > 0 ? static_cast<std::size_t>(size) : 0); }
    unsigned char GetAt(int i) const { return data_.at(static_cast<std::size_t>(i)); }
    // Grows the array to i + 1 elements when i is past its end; a negative i is ignored.
    void SetAtGrow(int i, unsigned char value) {
        if (i < 0) return;
        if (static_cast<std::size_t>(i) >= data_.size())
            data_.resize(static_cast<std::size_t>(i) + 1);
        data_[static_cast<std::size_t>(i)] = value;
    }
    const unsigned char* GetData() const { return data_.data(); }

  private:
    std::vector<unsigned char> data_;
};
