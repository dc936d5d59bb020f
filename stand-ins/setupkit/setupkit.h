// The platform's installation-utility library, setupkit.dll.
#pragma once

#include <stdint.h>

#include <string>

#ifdef SETUPKIT_BUILD
#define SETUPKIT_API __declspec(dllexport)
#else
#define SETUPKIT_API __declspec(dllimport)
#endif

// Copies `source` to `destination`, replacing an existing destination file when `replace` is true.
// Returns true when the destination now holds the source's content. Returns false otherwise, with
// the reason (a Windows error code) in *error when `error` is not null; *error is left alone on success.
SETUPKIT_API bool Copy(const std::wstring& destination, const std::wstring& source, bool replace, uint32_t* error);
