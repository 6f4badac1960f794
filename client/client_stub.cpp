// Placeholder until the client lands.
#include "client/kiv_client.h"
class ClientImpl {};
WebDavUtil::WebDavUtil() = default;
WebDavUtil::~WebDavUtil() = default;
bool WebDavUtil::ConnectServer(const std::string&, unsigned int) { return false; }
bool WebDavUtil::GetDirectory(const std::string&, Directory**) { return false; }
std::vector<Directory*>& WebDavUtil::GetSubDirectory(const std::string&) { static thread_local std::vector<Directory*> v; return v; }
void WebDavUtil::OpenStream() {}
void WebDavUtil::WriteToTempFile(const std::string&) {}
void WebDavUtil::ReadFromTempFile(std::string&) {}
void WebDavUtil::CloseStream() {}
bool WebDavUtil::AddDoc(const std::string&, const std::string&) { return false; }
bool WebDavUtil::GetDocContent(const std::string&, std::string&) { return false; }
bool WebDavUtil::AddCollection(const std::string&) { return false; }
bool WebDavUtil::MoveDoc(const std::string&, const std::string&) { return false; }
bool WebDavUtil::MoveCollection(const std::string&, const std::string&) { return false; }
bool WebDavUtil::DelDoc(const std::string&) { return false; }
bool WebDavUtil::DelCollection(const std::string&) { return false; }
void WebDavUtil::SplitFromSlash(int, const std::string& p, std::string& a, std::string& b) { a = p; b.clear(); }
void WebDavUtil::SetTimeouts(int, int) {}
WebDavUtil* ServiceFactory::GetService(const std::string&) { static WebDavUtil u; return &u; }
ServiceFactory& getServiceFactoryInstance() { static ServiceFactory f; return f; }
