// SecureText: an owned, NUL-terminated byte string that is overwritten with
// zeros before its memory is released. Dictionaries hold preference values
// (which may include credentials); nothing they held should linger in freed
// heap memory. errno is preserved across the release.
#pragma once

#include <cstddef>
#include <string_view>

class SecureText {
 public:
  SecureText() noexcept = default;
  explicit SecureText(std::string_view text) noexcept { Assign(text); }
  SecureText(const SecureText &) = delete;
  SecureText &operator=(const SecureText &) = delete;
  SecureText(SecureText &&other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  SecureText &operator=(SecureText &&other) noexcept;
  ~SecureText() { Reset(); }

  // Replaces the content with a copy of text (which may contain NULs).
  void Assign(std::string_view text) noexcept;
  // Zeroes and frees the content; afterwards the text is "none".
  void Reset() noexcept;

  bool IsNone() const noexcept { return data_ == nullptr; }
  // Null when none.
  const char *Get() const noexcept { return data_; }
  std::string_view View() const noexcept { return {data_ != nullptr ? data_ : "", size_}; }
  size_t Size() const noexcept { return size_; }

 private:
  char *data_ = nullptr;
  size_t size_ = 0;
};
