// Readers of the API parameter text: the raw query text after the leading `dummy` item, made
// of key=value items separated by "&". Nothing here percent-decodes: values reach the
// operations exactly as the page wrote them (a Base64 value therefore loses its "=" padding,
// which the Base64 decoder accepts). Keys are case-sensitive.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace service {

using ParameterMap = std::map<std::string, std::string>;

// Tokenizer shared by all readers. `cursor` starts at 0; it becomes -1 after the last token,
// and a negative cursor yields an empty token.
std::string NextToken(std::string_view source, char delimiter, int& cursor);

// `text` without the blanks and tabs around it (header values, cookie items).
std::string_view TrimBlanks(std::string_view text);

// Value of the last "sHandle" (resp. "id") item, the text between the item's first and second
// "="; empty when there is none. An empty item (as in "a=1&&b=2") ends the scan.
std::string GetParamSHandle(std::string_view parameterText);
std::string GetParamId(std::string_view parameterText);

// Builds the key -> value map (first value of a repeated key wins, "sHandle" left out). Returns
// 0 and replaces `map` when at least one item was stored; -1 leaving `map` untouched otherwise.
int ParseParameters(std::string_view parameterText, ParameterMap& map);

// Reads a handle text as a signed 64-bit decimal: leading blanks and one sign accepted, stops at
// the first non-digit, clamps out-of-range values; text without a number reads as 0.
int64_t ReadHandleNumber(std::string_view text);

// The two number readers of every operation's parameters.
// A signed 32-bit decimal: leading white space and one sign accepted, reading stops at the first
// non-digit. nullopt when the text does not begin with a number or the number does not fit in 32
// bits, so that a page can never stop the agent with an odd value.
std::optional<int32_t> ReadDecimal32(std::string_view text);
// A number with automatic base ("0x"/"0X" hexadecimal, a leading "0" octal, otherwise decimal);
// text without digits reads as 0 and values outside 32 bits read as the nearest 32-bit limit.
int32_t ReadAutoBase32(std::string_view text);

// Offset of the parameter text in the raw query given the result of the server's lookup of the
// "dummy" variable (its decoded length, -1 when absent, -2 when too long): n + 7. Returns the
// suffix of `query` from there, or empty when nothing remains.
std::string ParameterTextAfterDummy(std::string_view query, int dummyLookupResult);

}  // namespace service
