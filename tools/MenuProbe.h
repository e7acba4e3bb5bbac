#pragma once

#include "tools/StandInClient.h"

// The demo's right-clicks: for a handful of selections in the stand-in client's sample tree,
// the context menu handler registered for all files is created through its CLSID, given the
// selection and asked for its menu, which is printed as a person would see it. False when the
// handler cannot be created.
bool ShowMenus(const CStandInClient& client);

// The menu's commands on sample selections, against a stand-in of the client's local web service
// and with the browser captured: what reached the service and which page the browser was asked
// to open, for each.
bool ShowCommands(const CStandInClient& client);
