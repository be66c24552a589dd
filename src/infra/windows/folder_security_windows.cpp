// The FolderSecurity seam over the Windows API: entries opened without following reparse points,
// owners and access lists by handle, removal by handle.
#include "infra/windows/folder_security_windows.h"

#include <utility>

#include "infra/windows/text_windows.h"
// After the gate header: the security APIs and the SID texts.
#include <aclapi.h>
#include <sddl.h>

namespace ostrivel {

namespace {

// Backup semantics open folders too; an open reparse point is the link itself, not its target.
constexpr DWORD kOpenFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
// Reading the data (listing a folder) makes the handle count in sharing: a handle for metadata
// alone would not keep anybody from renaming or deleting the entry. Held without DELETE, which
// Wine's listing of a folder does not share; removal opens the entry again for that alone.
constexpr DWORD kChangeAccess = FILE_READ_DATA | READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES |
                                FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
// Sharing only ever refuses reading, writing or deleting the data: a handle that holds another's
// share mode against everyone still gets these, and a folder a squatter keeps open is taken back.
constexpr DWORD kSecureAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kLookAccess = READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kDeleteAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// FileDispositionInfoEx (Windows 10 1607 on); MinGW declares it only for a later API level.
constexpr auto kDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

std::string sidText(PSID sid) {
  char* text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidA(sid, &text)) {
    return {};
  }
  const LocalMemory owned(text);
  return std::string(text);
}

// The owner and the list in the form the API takes; the buffers live as long as this does.
class NativeSecurity {
 public:
  explicit NativeSecurity(const SecurityState& state) {
    PSID owner = nullptr;
    if (!state.owner.empty() && ConvertStringSidToSidA(state.owner.c_str(), &owner)) {
      ownerSid.reset(owner);
    }
    DWORD size = sizeof(ACL);
    for (const auto& rule : state.rules) {
      PSID sid = nullptr;
      if (rule.type == AccessRule::Type::other || !ConvertStringSidToSidA(rule.sid.c_str(), &sid)) {
        return;  // only lists of allow and deny rules are ever set
      }
      sids.emplace_back(sid);
      size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
    }
    buffer.assign((size + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    if (!InitializeAcl(list(), size, ACL_REVISION)) {
      return;
    }
    for (std::size_t i = 0; i < state.rules.size(); ++i) {
      const AccessRule& rule = state.rules[i];
      const BOOL added = rule.type == AccessRule::Type::allow
                             ? AddAccessAllowedAceEx(list(), ACL_REVISION, rule.flags, rule.mask, sids[i].get())
                             : AddAccessDeniedAceEx(list(), ACL_REVISION, rule.flags, rule.mask, sids[i].get());
      if (!added) {
        return;
      }
    }
    complete = ownerSid || state.owner.empty();
  }

  bool valid() const { return complete; }
  PSID owner() const { return ownerSid.get(); }
  PACL list() { return reinterpret_cast<PACL>(buffer.data()); }

  // A descriptor of the owner (when there is one) and the list, protected from the parent's.
  bool describe(SECURITY_DESCRIPTOR& descriptor) {
    return complete && InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorOwner(&descriptor, owner(), FALSE) &&
           SetSecurityDescriptorDacl(&descriptor, TRUE, list(), FALSE) &&
           SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  }

 private:
  LocalMemory ownerSid;
  std::vector<LocalMemory> sids;
  std::vector<DWORD> buffer;  // the list, kept aligned
  bool complete = false;
};

std::optional<SecurityState> readSecurity(HANDLE handle) {
  PSID owner = nullptr;
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &list, nullptr, &raw) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  const LocalMemory descriptor(raw);
  SecurityState state;
  state.owner = sidText(owner);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(raw, &control, &revision);
  state.protectedList = (control & SE_DACL_PROTECTED) != 0;
  state.hasList = list != nullptr;
  ACL_SIZE_INFORMATION size{};
  if (list == nullptr || !GetAclInformation(list, &size, sizeof size, AclSizeInformation)) {
    return state;
  }
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(list, i, &ace)) {
      continue;
    }
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    AccessRule rule;
    rule.flags = header->AceFlags;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
      // Allow and deny rules share one layout.
      auto* simple = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      rule.type = header->AceType == ACCESS_ALLOWED_ACE_TYPE ? AccessRule::Type::allow : AccessRule::Type::deny;
      rule.mask = simple->Mask;
      rule.sid = sidText(&simple->SidStart);
    } else {
      rule.type = AccessRule::Type::other;
    }
    state.rules.push_back(std::move(rule));
  }
  return state;
}

KernelHandle openEntry(const std::wstring& path, DWORD access, DWORD share, DWORD& error) {
  KernelHandle handle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, kOpenFlags, nullptr));
  error = handle ? ERROR_SUCCESS : GetLastError();
  return handle;
}

EntryKind kindOf(HANDLE handle, bool listedAsLink) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  const bool haveTag = GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) != 0;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool haveInfo = GetFileInformationByHandle(handle, &info) != 0;
  if (listedAsLink ||
      (haveTag && (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && reparseTagIsLink(tag.ReparseTag))) {
    return EntryKind::link;
  }
  const DWORD attributes = haveTag ? tag.FileAttributes : info.dwFileAttributes;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return EntryKind::directory;
  }
  // A second name of a file: the agent never makes one, a planter would (of a file it cannot
  // write itself, hoping the service writes to it).
  return haveInfo && info.nNumberOfLinks > 1 ? EntryKind::link : EntryKind::file;
}

class HeldEntryWindows : public HeldEntry {
 public:
  HeldEntryWindows(std::wstring pathIn, KernelHandle handleIn, bool listedAsLinkIn)
      : path(std::move(pathIn)), handle(std::move(handleIn)), listedAsLink(listedAsLinkIn) {}

  // Asked of the handle each time: a folder its owner turns into a junction shows it at once.
  EntryKind kind() const override { return kindOf(handle.get(), listedAsLink); }

  std::optional<SecurityState> security() override { return readSecurity(handle.get()); }

  bool secure(const SecurityState& wanted) override {
    NativeSecurity native(wanted);
    SECURITY_DESCRIPTOR descriptor{};
    if (!native.describe(descriptor)) {
      return false;
    }
    // On the held handle alone. SetSecurityInfo and SetNamedSecurityInfo would also rewrite the
    // inherited rules of every child by name, children not judged yet: a hard link planted in
    // logs\ui would pass Users' modify on to the file it names.
    const SECURITY_INFORMATION owner = native.owner() != nullptr ? OWNER_SECURITY_INFORMATION : 0;
    if (SetKernelObjectSecurity(handle.get(), owner | DACL_SECURITY_INFORMATION, &descriptor)) {
      return true;
    }
    // The owner may be refused while the list is not: set that much, and still report failure.
    SetKernelObjectSecurity(handle.get(), DACL_SECURITY_INFORMATION, &descriptor);
    return false;
  }

  bool remove() override {
    // Let go, then open the name again for deletion, still without following it: whatever
    // stands there now is removed as itself, and the folders above stay held by their owners.
    handle.reset();
    DWORD error = ERROR_SUCCESS;
    handle = openEntry(path, kDeleteAccess, kShareAll, error);
    if (!handle) {
      return false;
    }
    // POSIX semantics free the name at once, even while another program keeps the file open.
    FILE_DISPOSITION_INFO_EX extended{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                      FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
    if (SetFileInformationByHandle(handle.get(), kDispositionInfoEx, &extended, sizeof extended)) {
      return true;
    }
    FILE_DISPOSITION_INFO plain{TRUE};
    return SetFileInformationByHandle(handle.get(), FileDispositionInfo, &plain, sizeof plain) != 0;
  }

 private:
  std::wstring path;
  KernelHandle handle;
  bool listedAsLink;
};

}  // namespace

FolderSecurityWindows::FolderSecurityWindows() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) {
    return;
  }
  token.reset(raw);
  for (const char* name : {"SeTakeOwnershipPrivilege", "SeRestorePrivilege", "SeBackupPrivilege"}) {
    TOKEN_PRIVILEGES wanted{};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueA(nullptr, name, &wanted.Privileges[0].Luid)) {
      continue;
    }
    TOKEN_PRIVILEGES before{};
    DWORD size = 0;
    // Succeeds without enabling anything when the account lacks the privilege.
    if (AdjustTokenPrivileges(token.get(), FALSE, &wanted, sizeof before, &before, &size) &&
        GetLastError() == ERROR_SUCCESS && before.PrivilegeCount == 1) {
      previousPrivileges.push_back(before);
    }
  }
}

FolderSecurityWindows::~FolderSecurityWindows() {
  for (auto& before : previousPrivileges) {
    AdjustTokenPrivileges(token.get(), FALSE, &before, 0, nullptr, nullptr);
  }
}

std::unique_ptr<HeldEntry> FolderSecurityWindows::open(const std::string& path) {
  const std::wstring name = utf8ToWide(path);
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileExW(name.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  FindClose(search);
  // What the folder's listing says of the entry counts too: Wine shows a Unix link only there.
  const bool listedAsLink =
      (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && reparseTagIsLink(found.dwReserved0);

  // Shared for reading only, so nobody renames, replaces or rewrites it while it is held; a file
  // another program writes is still looked at, and one that cannot be changed still judged.
  DWORD error = ERROR_SUCCESS;
  KernelHandle handle = openEntry(name, kChangeAccess, FILE_SHARE_READ, error);
  if (!handle && error == ERROR_SHARING_VIOLATION) {
    handle = openEntry(name, kChangeAccess, kShareAll, error);
  }
  // A squatter's handle that shares nothing, or a list that locks everyone out (backup and
  // restore privileges pass it): enough to judge and take back, though not to hold.
  if (!handle && (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)) {
    handle = openEntry(name, kSecureAccess, kShareAll, error);
  }
  if (!handle && error == ERROR_ACCESS_DENIED) {
    handle = openEntry(name, kLookAccess, kShareAll, error);
  }
  if (!handle) {
    return nullptr;
  }
  return std::make_unique<HeldEntryWindows>(name, std::move(handle), listedAsLink);
}

std::optional<std::vector<std::string>> FolderSecurityWindows::list(const std::string& directory) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileExW(utf8ToWide(directory + "\\*").c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    // Even an empty folder lists "." and "..": nothing at all means it could not be read.
    return std::nullopt;
  }
  do {
    const std::wstring_view name(found.cFileName);
    if (name != L"." && name != L"..") {
      names.push_back(wideToUtf8(name));
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

bool FolderSecurityWindows::createDirectory(const std::string& path, const SecurityState& security) {
  NativeSecurity native(security);
  SECURITY_DESCRIPTOR descriptor{};
  if (!native.describe(descriptor)) {
    return false;
  }
  // From its first moment: a folder made with the parent's rules would let Users add to it
  // until the rules were changed.
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  const std::wstring name = utf8ToWide(path);
  if (CreateDirectoryW(name.c_str(), &attributes)) {
    return true;
  }
  if (GetLastError() != ERROR_INVALID_OWNER) {
    return false;
  }
  // An account that may not name Administrators as owner gets the default; the list still holds.
  SetSecurityDescriptorOwner(&descriptor, nullptr, FALSE);
  return CreateDirectoryW(name.c_str(), &attributes) != 0;
}

std::string processAccountSid() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    return {};
  }
  const KernelHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) {
    return {};
  }
  std::vector<unsigned char> buffer(size);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    return {};
  }
  return sidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

GuardReport secureDataFolder(const std::string& dataDirectory, const std::string& tag) {
  std::vector<std::string> trusted;
  if (std::string account = processAccountSid(); !account.empty()) {
    trusted.push_back(std::move(account));
  }
  FolderSecurityWindows access;
  DataFolderGuard guard(access, std::move(trusted), tag);
  GuardReport report = guard.secure(wideToUtf8(toWide(dataDirectory, CP_ACP)));
  // Back to the code page every other log line and path of the agent is written in.
  for (auto& finding : report.findings) {
    finding.message = toNarrow(utf8ToWide(finding.message), CP_ACP);
  }
  for (auto& folder : report.unsecured) {
    folder = toNarrow(utf8ToWide(folder), CP_ACP);
  }
  return report;
}

void sweepDataFolder(const std::string& dataDirectory) {
  FolderSecurityWindows access;
  sweepTree(access, wideToUtf8(toWide(dataDirectory, CP_ACP)));
}

}  // namespace ostrivel
