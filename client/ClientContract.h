#pragma once

// What the module relies on from the sync client, in one place. The client defines all of it;
// the module only reads it (registry, databases, service state) or receives it (pushes).

#include <windows.h>

#include <cstdint>

#include "base/SyncStatus.h"

namespace ClientContract {

// Registry: HKEY_LOCAL_MACHINE, in the 32-bit view, string values naming existing directories.
inline constexpr wchar_t RegistryKeyPath[] = L"Software\\Orbeth Desktop Sync";
inline constexpr REGSAM RegistryView = KEY_WOW64_32KEY;
inline constexpr wchar_t ConfigDirValue[] = L"config_dir";
inline constexpr wchar_t RootDirValue[] = L"root_dir";

// Databases in the configuration directory.
inline constexpr wchar_t SyncDbFile[] = L"sync.db";
inline constexpr wchar_t DconfDbFile[] = L"dconf.db";

// sync.db: `ea` has one row per item keyed by `canonical_path`; its `status` carries the sync
// state in the two low bits (StatusError, StatusPending, StatusOk) and StatusExcludedFlag;
// `id` is above 0 for a folder with a cloud entry; `uqid` is neither empty nor "0" for a file
// with one. `batch` holds the sync batches; `remote_folders` is a JSON array of relative paths.
// The canonical path is always a bound parameter, never part of the SQL text.
inline constexpr wchar_t SelectEntryStatusSql[] = L"SELECT `status` FROM `ea` WHERE `canonical_path` = ?1 LIMIT 1";
inline constexpr wchar_t SelectEntryIdSql[] = L"SELECT `id` FROM `ea` WHERE `canonical_path` = ?1 LIMIT 1";
inline constexpr wchar_t SelectEntryUqidSql[] = L"SELECT `uqid` FROM `ea` WHERE `canonical_path` = ?1 LIMIT 1";
// One folder's rows at once, bound to the folder's canonical path (?1, ending in "/") and that path
// with its final "/" raised to "0" (?2): between the two lie the keys that start with the folder's
// path (and, in a UTF-16 database, a few others that the reader drops). The first, in key order
// along an index, lets the reader step over each child folder's subtree; the second, for a table
// without one, keeps only the children in its single pass.
inline constexpr wchar_t SelectFolderRangeSql[] =
    L"SELECT `canonical_path`, `status` FROM `ea` WHERE `canonical_path` >= ?1 AND `canonical_path` < ?2 "
    L"ORDER BY `canonical_path`";
inline constexpr wchar_t SelectFolderChildrenSql[] =
    L"SELECT `canonical_path`, `status` FROM `ea` WHERE `canonical_path` >= ?1 AND `canonical_path` < ?2 "
    L"AND instr(substr(`canonical_path`, length(?1) + 1), '/') IN (0, length(`canonical_path`) - length(?1))";
// Whether keys can be sought in order: a UTF-8 database, and a whole-table index that starts with
// the canonical path in its binary order.
inline constexpr wchar_t SelectPathIndexSql[] =
    L"SELECT (SELECT `encoding` FROM pragma_encoding) = 'UTF-8' AND EXISTS (SELECT 1 FROM "
    L"pragma_index_list('ea') AS l, pragma_index_xinfo(l.name) AS x WHERE l.partial = 0 AND x.seqno = 0 "
    L"AND x.name = 'canonical_path' AND x.coll = 'BINARY' COLLATE NOCASE)";
inline constexpr wchar_t SelectLatestRemoteFoldersSql[] =
    L"SELECT `remote_folders` FROM batch ORDER BY `id` DESC LIMIT 1";
inline constexpr wchar_t SelectMaxBatchIdSql[] = L"SELECT MAX(`id`) FROM `batch`";

// dconf.db: the first row of `driveconfig`. A client user is known while `user` is not empty;
// `share_link` enables sharing of files (bit 0) and of folders (bit 1).
inline constexpr wchar_t SelectDriveUserSql[] = L"SELECT `user` FROM driveconfig LIMIT 1";
inline constexpr wchar_t SelectShareLinkSql[] = L"SELECT `share_link` FROM `driveconfig` LIMIT 1";
inline constexpr int ShareLinkFiles = 1;
inline constexpr int ShareLinkFolders = 2;

// The client's Windows service: statuses are shown only while it runs.
inline constexpr wchar_t ServiceName[] = L"orbethSync";

// The client's local web service on the loopback address, and its pages.
inline constexpr wchar_t LocalHost[] = L"127.0.0.1";
inline constexpr uint16_t LocalPort = 8806;
inline constexpr wchar_t SelectContextMenuPath[] = L"/select_context_menu";
inline constexpr wchar_t SharingPage[] = L"sync_sharing";
inline constexpr wchar_t NotePage[] = L"sync_note";
inline constexpr wchar_t VersionsPage[] = L"view_versions";
inline constexpr wchar_t CloudPage[] = L"open_cfs";

// Status pushes: WM_COPYDATA to a file-manager window with this dwData, carrying a UTF-8 JSON
// array of objects with these two members.
inline constexpr ULONG_PTR PushMagic = 0x0442BF76;
inline constexpr char PushPathMember[] = "filepath";
inline constexpr char PushStatusMember[] = "status";

// The client's JSON texts (pushes, remote folders) are arrays of flat values: anything nested
// deeper is hostile, and the parser recurses once per level on the file manager's stack.
inline constexpr int MaxJsonNesting = 16;

} // namespace ClientContract
