// The six entry points a board plugin library exports, by name and signature.
//
// The server resolves them by name from the loaded library at each call
// (see Board); plugins include this header to get the exact C signatures.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define VRAXDIG2_EXPORT __declspec(dllexport)
#else
#define VRAXDIG2_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
// 0 on success; the handle identifies the board in all later calls.
typedef int32_t (*VRAXDig2_Open_t)(const char* connection, uint32_t* handle);
typedef int32_t (*VRAXDig2_SetValueByQuery_t)(uint32_t handle, const char* path, const char* value);
// Writes a NUL-terminated value of at most 63 characters into a 64-byte buffer.
typedef int32_t (*VRAXDig2_GetValueByQuery_t)(uint32_t handle, const char* path, char* value);
typedef int32_t (*VRAXDig2_SendCommandByQuery_t)(uint32_t handle, const char* path);
// data_list points to a readout::DataList; the delivered data stays valid until
// the matching free call on the same path and data list.
typedef int32_t (*VRAXDig2_ReadDataByQuery_t)(uint32_t handle, const char* path, int32_t timeout_ms, void* data_list);
typedef int32_t (*VRAXDig2_FreePointerByQuery_t)(uint32_t handle, const char* path, void* data_list);
}

namespace vraxdig2 {
constexpr const char* kOpen = "VRAXDig2_Open";
constexpr const char* kSetValue = "VRAXDig2_SetValueByQuery";
constexpr const char* kGetValue = "VRAXDig2_GetValueByQuery";
constexpr const char* kSendCommand = "VRAXDig2_SendCommandByQuery";
constexpr const char* kReadData = "VRAXDig2_ReadDataByQuery";
constexpr const char* kFreePointer = "VRAXDig2_FreePointerByQuery";
constexpr int32_t kReadTimeoutMs = 1000;
}  // namespace vraxdig2
