// Every settings key as one data table: name, kind, where the value lives,
// default, range and capacity. Reading, writing, defaults, printing and
// command-line overrides all walk this table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "vlx/app/context.h"

namespace vlx {

enum class KeyKind : uint8_t {
    Int,   // 32-bit integer
    Dbl,   // double
    Str,   // string read with GetRecord
    Keep,  // string read with GetRecordKeep (an empty stored string keeps the value)
    Scr,   // scrambled string
};

enum class KeyHome : uint8_t {
    Block,   // DetectParams (IF.* and the names the element prints)
    App,     // Settings (AP.*)
    Replay,  // ReplayParams (RIF.*)
};

struct KeyDef {
    const char* key;
    KeyKind kind;
    KeyHome home;
    size_t offset;     // of the value inside its home structure
    size_t capacity;   // bytes of the destination (strings); 4 or 8 otherwise
    int32_t def_int;
    double def_dbl;
    const char* def_str;
    bool ranged;
    int32_t min;
    int32_t max;
    size_t max_chars;  // entry limit of a string (characters)
};

// In read order. AP.mail_server, AP.mail_from and AP.mail_to appear twice:
// first in their older plain form, then scrambled.
std::span<const KeyDef> KeyTable();

// The first entry with this key (full name, not the 15-character form).
const KeyDef* FindKey(const char* key);

// Addresses of a key's value in ctx.
void* KeyAddress(AppContext& ctx, const KeyDef& def);
int32_t& KeyInt(AppContext& ctx, const KeyDef& def);
double& KeyDbl(AppContext& ctx, const KeyDef& def);
char* KeyStr(AppContext& ctx, const KeyDef& def);

// True when the key's value is a credential, server or address that is
// stored scrambled (also for the older plain forms of the same values).
bool IsSecret(const KeyDef& def);

// The value as text ("%d", shortest round-trip double, or the string).
std::string KeyValueText(AppContext& ctx, const KeyDef& def);

// Sets a key from text, checking kind, range and length. On failure returns
// false with the reason in *error and changes nothing.
bool SetKeyFromText(AppContext& ctx, const char* key, const char* text, std::string* error);

// Copies text into a fixed buffer of capacity bytes, cutting it.
void CopyText(char* dest, size_t capacity, const char* text);

}  // namespace vlx
