// Owner of an object that a C-style library hands out with a matching
// release function: COwner<Dictionary, Dictionary_Free>, COwner<char, free>
// for text from malloc. The release runs once, when the owner goes, unless
// the object was released from it first.
#pragma once

#include <memory>

template <auto Release>
struct ReleaseWith {
  template <typename T>
  void operator()(T *object) const {
    Release(object);
  }
};

template <typename T, auto Release>
using COwner = std::unique_ptr<T, ReleaseWith<Release>>;
