// Small checks on the texts that callers hand in.
#pragma once

namespace zyhok {

// Whether a caller's text is missing or holds nothing: a null pointer or an empty string.
inline bool IsEmpty(const wchar_t* text) { return text == nullptr || text[0] == L'\0'; }

}  // namespace zyhok
