// Conversions between the service's two kinds of text.
//
// Messages and log formats are UTF-16 (std::u16string on every platform, so
// both builds produce the same bytes). Member data, INI values and everything
// handed to the HSM library are 8-bit strings. Only ASCII crosses both
// conversions unchanged.
#pragma once

#include <string>
#include <string_view>

// Keeps the low byte of each UTF-16 code unit (U+00E7 -> 0xE7, U+0141 -> 0x41).
std::string narrowText(std::u16string_view wide);

// Turns each byte into one code unit with sign extension, as a conversion
// through a signed char does (0x41 -> U+0041, 0xE7 -> U+FFE7).
std::u16string widenText(std::string_view narrow);

// Decodes UTF-8 into UTF-16. Each byte that does not belong to a
// well-formed sequence becomes one U+FFFD, so the result is defined for every
// input.
std::u16string utf8ToUtf16(std::string_view utf8);

// Encodes UTF-16 as UTF-8 (unpaired surrogates become U+FFFD); used where
// text goes to a UTF-8 terminal or file name.
std::string utf16ToUtf8(std::u16string_view utf16);

// Lower-cases the letters A to Z in place, byte by byte, and leaves every
// other byte as it is, whatever the process locale. HSM identifiers are
// derived from logons lower-cased this way, so one member keeps one
// identifier in every run mode and on every platform.
void lowerCaseAscii(std::string& text);

// Replaces each byte below 0x20, 0x7F, and the five bytes Windows-1252
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) with '?': text from the
// directory or the HSM written into a line of the log can then neither end
// the line, nor begin a new one, nor carry a terminal escape. Every other
// byte stays: 0x80..0x9F are letters and marks of Windows-1252, the log's
// code page (a Greek capital's low byte lands there), and whoever shows the
// log decodes it as Windows-1252 (windows1252ToUtf16), never as the C1
// controls of ISO 8859-1.
void replaceControlBytes(std::string& text);

// 8-bit text in Windows-1252 (the ANSI code page of the INI file, the log
// and every 8-bit value) as UTF-16, and back. The five bytes the code page
// leaves undefined map to the C1 control of the same value, as Windows' own
// tables do; a unit that has no byte becomes '?'.
char16_t windows1252Unit(unsigned char byte);
char windows1252Byte(char16_t unit);
std::u16string windows1252ToUtf16(std::string_view bytes);
// The same, straight to UTF-8, for a terminal, a JSON document or the journal.
std::string windows1252ToUtf8(std::string_view bytes);

// Overwrites `count` bytes with zeros through a volatile pointer, so the
// compiler cannot drop the stores: for copies of a password that are no
// longer needed. wipe() does so for a string's characters and then clears it.
void wipeBytes(void* bytes, size_t count);
void wipe(std::string& text);
void wipe(std::u16string& text);

// Plain ASCII literal to UTF-16 (for building messages from narrow constants).
std::u16string asciiToUtf16(std::string_view ascii);
