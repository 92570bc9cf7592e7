// The e-mail page of HttpOmxResponser; built on the e-mail center.
#include "web/HttpOmxResponser.h"

XmlDocForWeb* HttpOmxResponser::EmailManagement(HttpParser* /*parser*/) { return nullptr; }
