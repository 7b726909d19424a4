#pragma once
// Result codes of the device callbacks and of every rendering operation: 0 is success, a
// negative value a failure that the caller returns at once (the design's HRESULT convention).

#include <cstdint>

namespace ostrel {

using HRESULT = std::int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_FAIL = std::int32_t(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = std::int32_t(0x80070057u);
inline constexpr HRESULT E_OUTOFMEMORY = std::int32_t(0x8007000Eu);

constexpr bool failed(HRESULT hr) { return hr < 0; }
constexpr bool succeeded(HRESULT hr) { return hr >= 0; }

}  // namespace ostrel
