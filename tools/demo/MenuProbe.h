#pragma once

#include <shobjidl.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "base/GdiObject.h"
#include "tools/standin/StandInClient.h"

// A right-click's menu: "Open" and what the handler added. The handler owns the entries' bitmaps,
// so it is kept as long as the menu.
struct CRightClickMenu {
    Microsoft::WRL::ComPtr<IContextMenu> handler;
    CMenu menu;
};

// The menu a right-click on the paths gets (or, as a folder's background, on the folder), from the
// handler created through its registered CLSID. False when the handler cannot be created.
bool RightClick(const std::vector<std::wstring>& paths, CRightClickMenu* click, bool folderBackground = false);

// The demo's right-clicks: for a handful of selections in the stand-in client's sample tree,
// the context menu handler registered for all files is created through its CLSID, given the
// selection and asked for its menu, which is printed as a person would see it. False when the
// handler cannot be created.
bool ShowMenus(const CStandInClient& client);

// The menu's commands on sample selections, against a stand-in of the client's local web service
// and with the browser captured: what reached the service and which page the browser was asked
// to open, for each.
bool ShowCommands(const CStandInClient& client);
