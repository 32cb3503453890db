#pragma once
// The routines a loaded NT image may import, by the names NDIS.SYS, HAL.dll
// and ntoskrnl.exe export them under: the stand-in's own entry points, except
// NdisMRegisterMiniport (see image_exports.cpp).

#include "platform/host/image/pe_image.h"

namespace host::image {

ExportTable stand_in_exports();

}  // namespace host::image
