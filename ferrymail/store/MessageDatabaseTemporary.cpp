// TEMPORARY: the database calls the store makes, until the database lands.
#include "ferrymail/MessageDatabase.h"

void CMessageDatabase::NotifyUI(MSG_NOTIFICATION, CMessage*) {}
void CMessageDatabase::NotifyUI(UINT, const std::string&) {}
ExamineFunction CMessageDatabase::GetExamineMessage() { return nullptr; }
MSSTATUS CMessageDatabase::ExamineMessage(CMessage*) { return MS_INBOX; }
