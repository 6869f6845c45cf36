// Registry access. Every call opens the key, does one thing and closes it.
// Reads try the plain view (the 32-bit one for this 32-bit program on 64-bit
// Windows), then the 64-bit view; writes use the plain view only.
#pragma once

#include "platform/handles.h"

#include <windows.h>

#include <string>
#include <vector>

namespace kestrup {

// Values longer than this many bytes read as absent.
constexpr DWORD kRegistryValueLimit = 4096;

bool RegKeyExists(HKEY root, const std::string& path);
// True when a value name of the key contains text, A to Z compared without case.
bool RegFindValueName(HKEY root, const std::string& path, const std::string& text);
// The value's data, environment references expanded. False (and out empty) when
// the key or value cannot be read or the data exceeds kRegistryValueLimit.
bool RegReadString(HKEY root, const std::string& path, const std::string& name, std::string& out);
// A REG_SZ or REG_EXPAND_SZ value as it is stored, nothing expanded: for values
// whose references belong to another user than the installer's environment.
bool RegReadUnexpandedString(HKEY root, const std::string& path, const std::string& name, std::string& out);
// A REG_SZ or REG_EXPAND_SZ value read as Windows keeps it (UTF-16), nothing
// expanded, and given in the ANSI code page only when every character has its
// exact counterpart there. The A functions would put "?" (a wildcard to a file
// search) or a best-fit look-alike ("\", "/", a quote) in its place, which can
// name another user's folder. The NT family only: the 95 family's W functions are stubs.
enum class CodePageRead { kAbsent, kExact, kInexact };
CodePageRead RegReadStringExact(HKEY root, const std::string& path, const std::string& name, std::string& out);
bool RegWriteString(HKEY root, const std::string& path, const std::string& name, const std::string& text);
bool RegWriteDword(HKEY root, const std::string& path, const std::string& name, DWORD value);
bool RegWriteMultiString(HKEY root, const std::string& path, const std::string& name, const void* data,
                         DWORD byteCount);

// As RegKeyExists and RegReadString, in one registry view only: 0 for the plain
// one, KEY_WOW64_64KEY for the 64-bit one.
bool RegKeyExistsInView(HKEY root, const std::string& path, REGSAM view);
bool RegReadStringInView(HKEY root, const std::string& path, const std::string& name, REGSAM view, std::string& out);

// Where a user's registry is reached: in her own hive (below HKEY_USERS\<SID>,
// a hive loaded for the moment, or HKEY_CURRENT_USER) she may have made any key
// a link to a key of HKEY_LOCAL_MACHINE, so no link there is ever followed.
enum class LinkSafeKey { kOpened, kLink, kFailed };
// REG_OPTION_OPEN_LINK where Windows has registry links; the Windows 95
// family has none and wants 0 there.
DWORD OpenLinkOption();
// Opens path below root one key at a time, each as it is (REG_OPTION_OPEN_LINK),
// with KEY_QUERY_VALUE added to access, and refuses a key that is a link. With
// create, a missing key is made under the handle of its parent, already checked.
// error receives the Windows error of a failure.
LinkSafeKey OpenKeyWithoutLinks(HKEY root, const std::string& path, REGSAM access, bool create, KeyHandle& key,
                                LONG& error);

// Every value name of the key, in enumeration order; false when the key is absent.
bool RegListValueNames(HKEY root, const std::string& path, std::vector<std::string>& names);

}  // namespace kestrup
