// A reference-counted text: the payload of message and text notifications.
#pragma once

#include <string>
#include <utility>

#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/RefCount.h"

class CRefString : public CRefCount {
public:
    explicit CRefString(std::string text) : m_text(std::move(text)) {}
    std::string m_text;
};
