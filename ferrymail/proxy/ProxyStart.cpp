#include "ferrymail/proxy/ProxyStart.h"

#include "proxy/AOLListener.h"
#include "proxy/POP3Listener.h"
#include "proxy/SMTPListener.h"
#include "proxy/ServerTLS.h"

CListener* StartListener(CListener* listener, int& errorNumber, std::string& errorText) {
    if (listener == nullptr)
        return nullptr;
    if (!listener->InitListener(5, errorNumber, errorText)) {
        delete listener;
        return nullptr;
    }
    return listener;
}

CListener* StartFerrymail(int port, int& errorNumber, std::string& errorText) {
    CServerTLS::PrepareContexts();
    return StartListener(new CPOP3Listener(port), errorNumber, errorText);
}

CListener* StartSMTPProxy(int port, int& errorNumber, std::string& errorText) {
    CServerTLS::PrepareContexts();
    return StartListener(new CSMTPListener(port), errorNumber, errorText);
}

CListener* StartAOLProxy(int& errorNumber, std::string& errorText) {
    return StartListener(new CAOLListener(), errorNumber, errorText);
}
