#include "lib/dict/secure_text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/sig/panic.h"

SecureText &SecureText::operator=(SecureText &&other) noexcept {
  if (this != &other) {
    Reset();
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

void SecureText::Assign(std::string_view text) noexcept {
  char *copy = static_cast<char *>(malloc(text.size() + 1));
  if (copy == nullptr) {
    Panic_MemAllocSize(text.size() + 1);
  }
  if (!text.empty()) {
    memcpy(copy, text.data(), text.size());
  }
  copy[text.size()] = '\0';
  Reset();
  data_ = copy;
  size_ = text.size();
}

void SecureText::Reset() noexcept {
  if (data_ == nullptr) {
    return;
  }
  int savedErrno = errno;
  explicit_bzero(data_, size_ + 1);
  free(data_);
  data_ = nullptr;
  size_ = 0;
  errno = savedErrno;
}
