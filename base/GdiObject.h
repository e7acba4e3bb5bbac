#pragma once

#include <windows.h>

#include "base/UniqueHandle.h"

// A bitmap, and a menu that is not (yet) part of another menu.
using CBitmap = CUniqueHandle<HBITMAP, &DeleteObject>;
using CMenu = CUniqueHandle<HMENU, &DestroyMenu>;
