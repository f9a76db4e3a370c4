// The text of an INI file read as the Windows private-profile reader
// (GetPrivateProfileStringA) reads it, for the files an administrator
// writes: the Linux reader of the settings seam (posix/settings_posix.cpp)
// opens the file and hands its bytes here. A differential test
// (tests/ini_differential) keeps the two in step by reading one corpus with
// both.
//
// The rules, as the Windows reader applies them (checked against Wine's):
//  - The file is text in the ANSI code page (Windows-1252) unless it starts
//    with a byte-order mark: EF BB BF (UTF-8), FF FE (UTF-16 LE) or FE FF
//    (UTF-16 BE). The text is read as UTF-16 and the value converted back to
//    Windows-1252 (a character it cannot hold becomes '?'), so the bytes of a
//    file without a mark come back unchanged. (Windows writes a look-alike
//    for some such characters, 'L' for "Ł"; values of this file are ASCII,
//    and such characters are not compared.)
//  - Lines end at LF or CR. Blanks (ASCII white space and ^Z) around a line
//    are ignored, and blank lines are skipped.
//  - A line that starts with '[' and holds a ']' opens a section named by the
//    text between the '[' and the last ']', without blanks around it; what
//    follows the ']' is ignored. A '[' line without ']' is an ordinary line.
//    The lines before the first section form a section without a name.
//  - Any other line is a key: the name is the text before the first '='
//    without trailing blanks, the value the text after it without leading
//    blanks. A line without '=' is a key without a value, which reads as
//    empty. Comment lines (';', '#') need no rule of their own: their names
//    start with that character and so never equal a key asked for, and a ';'
//    later in a line is part of the value.
//  - Names are compared without regard to ASCII case (other letters must
//    match exactly), after blanks around the asked-for names are removed.
//    Only the first section of a name is searched, and within it the first
//    key of the name counts, with or without a value.
//  - One pair of equal quotes (' or ") around the value is removed, and the
//    value is cut to 255 characters; when the quoted value is exactly 255
//    characters long the Windows reader also drops its last character, and so
//    does this one.
//  - Text after a zero unit of a name or value is not part of it. (Windows
//    may take a file with zero bytes for UTF-16 text; such a file is not one
//    an administrator writes, and it is not compared.)
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The longest value a key gives (a buffer of 256 bytes with its terminator).
inline constexpr size_t kIniValueMaxLength = 255;

// One section of the INI file with the names of its keys, as the reader
// sees them: in file order, comment lines (';', '#') and lines without '='
// left out. Lines before the first section are not listed (Windows lists
// no such section).
struct IniSection {
  std::string name;
  std::vector<std::string> keys;
};

namespace ini {

// The value of `key` in `section` of the INI text `file` (the file's bytes),
// following the rules above; empty when the section or key is missing.
// Defined for every input: never reads outside `file`. The value is cut to
// `maxLength` bytes, as a buffer of maxLength + 1 bytes would hold it.
std::string lookupProfileValue(std::string_view file, std::string_view section, std::string_view key,
                               size_t maxLength = kIniValueMaxLength);

// The sections and key names of the INI text `file`, by the same rules.
std::vector<IniSection> listProfileNames(std::string_view file);

}  // namespace ini
