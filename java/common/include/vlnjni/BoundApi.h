// The wrapped library of a binding with the table of its exports, published
// once the load has succeeded. Both are heap objects that are freed only at
// JNI_OnUnload, never at exit: a library callback made while the process
// ends may still use them.
#pragma once

#include <jni.h>

#include <memory>

#include "vlnjni/BoundLibrary.h"
#include "vlnjni/Errors.h"
#include "vlnjni/Module.h"

namespace vlnjni {

template <typename Table>
class BoundApi {
 public:
  // Opens the library and lets `bindAll(library, table)` resolve the
  // exports and start what must run before the binding is used (a service
  // binding's dispatcher); throws as BoundLibrary does, publishing nothing
  // then.
  template <typename BindAll>
  void open(JNIEnv* env, const Module& module, BindAll bindAll) {
    std::unique_ptr<BoundLibrary> library = BoundLibrary::open(env, module);
    auto table = std::make_unique<Table>();
    bindAll(*library, *table);
    table_ = table.release();
    library_ = library.release();
  }
  // The exports; a binding whose load failed throws the load failure.
  const Table& get() const {
    if (!table_) throw WrapperError(BoundLibrary::kLoadFailed);
    return *table_;
  }
  // The library, for the handle registry and its call lock.
  BoundLibrary& library() const {
    if (!table_ || !library_) throw WrapperError(BoundLibrary::kLoadFailed);
    return *library_;
  }
  bool loaded() const { return table_ && library_; }
  // The class loader is gone, so no native of the binding runs again.
  void close() {
    delete table_;
    table_ = nullptr;
    delete library_;
    library_ = nullptr;
  }

 private:
  Table* table_ = nullptr;
  BoundLibrary* library_ = nullptr;
};

}  // namespace vlnjni
