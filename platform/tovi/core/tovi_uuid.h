// UUIDs: 16 bytes, written as 36 characters ("xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx").
#pragma once

#include <cstddef>
#include <cstdint>

// Parses exactly `len` characters, which must be 36 in the form above (hex digits of either
// case). Returns false, leaving `out` in an unspecified state, for anything else. Reads no
// byte beyond text[len - 1]. Any thread.
bool tovi_uuid_parse(const char *text, size_t len, uint8_t out[16]);
// Writes the lower-case text form and a terminating NUL (37 bytes). Any thread.
void tovi_uuid_unparse(const uint8_t id[16], char out[37]);
