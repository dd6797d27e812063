// Ferrymail's string table: the texts its proxies and database show or log.
#pragma once

#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/Types.h"

HINSTANCE GetFerrymailModule();
