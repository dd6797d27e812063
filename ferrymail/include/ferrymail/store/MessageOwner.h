// What a message needs from the store that owns it. The message store implements it; the
// message database says which store an identifier stands for (CMessage::SetOwnerLookup).
#pragma once

#include "ferrymail/store/MessageStatus.h"
#include "ferrymail/ferrymail_export.h"

class CMessage;

class IMessageOwner {
public:
    // Called by CMessage::SetLocation before the message's location changes from
    // `oldLocation` to `newLocation` (never equal), with the owner's lock held by the caller
    // or taken re-entrantly here.
    virtual void ChangeLocation(CMessage* message, MSSTATUS oldLocation, MSSTATUS newLocation) = 0;
    // The identifier the message keeps to find its owner again (never 0).
    virtual int GetStoreID() = 0;

protected:
    ~IMessageOwner() = default;
};

// Maps a store identifier to its store; null when there is none.
using MessageOwnerLookup = IMessageOwner* (*)(int storeID);
