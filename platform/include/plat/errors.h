// The Win32 error codes the layers return (their texts are in sysmsg.h).
#pragma once

namespace plat {

inline constexpr int kErrorFileNotFound = 2;
inline constexpr int kErrorAccessDenied = 5;
inline constexpr int kErrorInvalidData = 13;
inline constexpr int kErrorInvalidParameter = 87;
inline constexpr int kErrorInvalidName = 123;
inline constexpr int kErrorAlreadyExists = 183;
inline constexpr int kErrorFilenameTooLong = 206;
inline constexpr int kErrorPipeBusy = 231;
inline constexpr int kErrorMoreData = 234;
inline constexpr int kErrorWaitTimeout = 258;
inline constexpr int kErrorNoMoreItems = 259;

}  // namespace plat
