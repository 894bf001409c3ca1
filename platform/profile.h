// Reads a value from an INI file the way GetPrivateProfileStringA does, for the files venues already have.
#pragma once

namespace tav {

// Looks up `key` in `[section]` of the file at `filePath` (a path of this machine). Section and key
// match regardless of letter case; blanks around key and value are dropped; one pair of matching
// ' or " around the value is dropped; the first section and the first key of a name win. The value
// (or `defaultValue` when the file, section or key is missing) is copied into `buffer`, cut to
// size-1 bytes (never ending in the first half of a double-byte character), and ended by a NUL
// byte. Bytes are copied as they are in the file (code page 949); a file that starts with a UTF-8
// or UTF-16 (LE or BE) byte-order mark is decoded and its value given in code page 949, as the
// Windows call gives it. The caller converts the bytes. Returns the number of bytes copied,
// without the NUL.
int readProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                      int size, const char* filePath);

}  // namespace tav
