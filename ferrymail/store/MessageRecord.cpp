// A message's record in its store file.
#include <cstdint>

#include "ferrymail/store/Message.h"
#include "ferrymail/store/StoreFile.h"

int CMessage::WriteMessageStatus(CStoreFile& file) {
    return file.WriteString(m_uidl) && file.WriteInt(m_number) && file.WriteInt(m_size) &&
           file.WriteInt(m_bodyLines) && file.WriteInt(m_location) &&
           file.WriteInt(static_cast<int>(reinterpret_cast<intptr_t>(m_tag))) &&
           file.WriteInt(static_cast<int>(m_downloaded)) &&
           file.WriteInt(static_cast<int>(m_flags & kPersistedFlags)) && file.WriteInt(m_deleted);
}

int CMessage::Write(CStoreFile& file) {
    if (!WriteMessageStatus(file))
        return 0;
    DWORD flags = m_flags;
    if ((flags & kHasHeader) && !file.WriteString(m_header))
        return 0;
    if (!file.WriteString(m_notes))
        return 0;
    if (m_bodyLines != 0 && !file.WriteString(m_body))
        return 0;
    bool ok = true;
    if (flags & kCachedDate)
        ok = ok && file.WriteInt(static_cast<int>(m_date));
    if (flags & kCachedSubject)
        ok = ok && file.WriteString(m_subject);
    if (flags & kCachedFrom)
        ok = ok && file.WriteAddress(m_from);
    if (flags & kCachedReplyTo)
        ok = ok && file.WriteAddress(m_replyTo);
    if (flags & kCachedReturnPath)
        ok = ok && file.WriteAddress(m_returnPath);
    if (flags & kCachedSender)
        ok = ok && file.WriteAddress(m_sender);
    if (flags & kCachedTo)
        ok = ok && file.WriteAddressArray(m_to);
    if (flags & kCachedCC)
        ok = ok && file.WriteAddressArray(m_cc);
    return ok ? 1 : 0;
}

int CMessage::LoadMessageStatus(CStoreFile& file) {
    std::string uidl;
    int number, size, bodyLines, location, tag, downloaded, flags, deleted;
    if (!file.ReadString(uidl) || !file.ReadInt(&number) || !file.ReadInt(&size) ||
        !file.ReadInt(&bodyLines) || !file.ReadInt(&location) || !file.ReadInt(&tag) ||
        !file.ReadInt(&downloaded) || !file.ReadInt(&flags) || !file.ReadInt(&deleted))
        return 0;
    m_uidl = std::move(uidl);
    m_number = number;
    m_size = size;
    m_bodyLines = bodyLines;
    m_location = static_cast<MSSTATUS>(location);
    m_tag = reinterpret_cast<void*>(static_cast<intptr_t>(tag));
    m_downloaded = downloaded;
    m_flags = static_cast<DWORD>(flags) & kPersistedFlags;
    m_deleted = deleted != 0 ? 1 : 0;
    return 1;
}

int CMessage::Load(CStoreFile& file) {
    // Read into a fresh message first so that a record cut short changes nothing here.
    CMessage loaded;
    if (!loaded.LoadMessageStatus(file))
        return 0;
    DWORD flags = loaded.m_flags;
    if ((flags & kHasHeader) && !file.ReadString(loaded.m_header))
        return 0;
    if (!file.ReadString(loaded.m_notes))
        return 0;
    if (loaded.m_bodyLines != 0 && !file.ReadString(loaded.m_body))
        return 0;
    int date = 0;
    bool ok = true;
    if (flags & kCachedDate) {
        ok = ok && file.ReadInt(&date);
        loaded.m_date = date;
    }
    if (flags & kCachedSubject)
        ok = ok && file.ReadString(loaded.m_subject);
    if (flags & kCachedFrom)
        ok = ok && file.ReadAddress(loaded.m_from);
    if (flags & kCachedReplyTo)
        ok = ok && file.ReadAddress(loaded.m_replyTo);
    if (flags & kCachedReturnPath)
        ok = ok && file.ReadAddress(loaded.m_returnPath);
    if (flags & kCachedSender)
        ok = ok && file.ReadAddress(loaded.m_sender);
    if (flags & kCachedTo)
        ok = ok && file.ReadAddressArray(loaded.m_to);
    if (flags & kCachedCC)
        ok = ok && file.ReadAddressArray(loaded.m_cc);
    if (!ok)
        return 0;
    m_uidl = std::move(loaded.m_uidl);
    m_number = loaded.m_number;
    m_size = loaded.m_size;
    m_bodyLines = loaded.m_bodyLines;
    m_location = loaded.m_location;
    m_tag = loaded.m_tag;
    m_downloaded = loaded.m_downloaded;
    m_flags = loaded.m_flags;
    m_deleted = loaded.m_deleted;
    m_header = std::move(loaded.m_header);
    m_notes = std::move(loaded.m_notes);
    m_body = std::move(loaded.m_body);
    m_date = loaded.m_date;
    m_subject = std::move(loaded.m_subject);
    m_from = std::move(loaded.m_from);
    m_replyTo = std::move(loaded.m_replyTo);
    m_returnPath = std::move(loaded.m_returnPath);
    m_sender = std::move(loaded.m_sender);
    m_to = std::move(loaded.m_to);
    m_cc = std::move(loaded.m_cc);
    return 1;
}
