// The fixed parameters of one binding.
#pragma once

namespace vlnjni {

struct Module {
  const char* name;     // "Devmgrjni": exception texts, WrapperException's module,
                        // the "<name>.library" property, the dispatcher's thread
  const char* library;  // "devmgr": the wrapped library is lib<library>.so
};

}  // namespace vlnjni
