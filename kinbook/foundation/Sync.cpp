#include "kinbook/foundation/Sync.h"

CSync::~CSync() = default;
