// The platform's diagnostic log library, journalsink.dll.
//
// The three Log_ functions are the platform's interface: the plug-in imports them and nothing else.
// JournalSink_Configure exists only in this project's stand-in, so tests and the demo can point the
// sink at a file and choose the level per module while a process runs.
#pragma once

#include <stdint.h>

#ifdef JOURNALSINK_BUILD
#define JOURNALSINK_API __declspec(dllexport)
#else
#define JOURNALSINK_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Returns the process's default log handle; null means nothing is logged.
JOURNALSINK_API void* Log_GetDefaultHandle(void);

// Returns the level configured for `module` (NUL-terminated UTF-16). 0 means the module logs nothing;
// otherwise lines of this level and above are wanted.
JOURNALSINK_API uint32_t Log_GetLogLevel(void* handle, const wchar_t* module);

// Writes one line. `text` is UTF-16LE without terminator (null when empty), `text_bytes` its length in
// bytes. Returns 0 when the line was stored, a Windows error code otherwise.
JOURNALSINK_API uint32_t Log_Flush(void* handle, const wchar_t* module, uint32_t level, const wchar_t* source_file,
                                   uint32_t source_line, const wchar_t* text, uint32_t text_bytes);

// Stand-in only. `file`: the UTF-8 log file to append to (null keeps the current one).
// `levels`: "module=level" pairs separated by ';', with "*" for every other module, e.g.
// "*=2;Util COMMON=0" (null keeps the current levels). Returns 0 on success.
JOURNALSINK_API uint32_t JournalSink_Configure(const wchar_t* file, const wchar_t* levels);

#ifdef __cplusplus
}
#endif
