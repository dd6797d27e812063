#include "kinbook/Sync.h"

CSync::~CSync() = default;
