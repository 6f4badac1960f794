// The repository service client, under the key the client factory knows it by.
#include "provider/service.h"

#include "client/kiv_client.h"
#include "common/names.h"

namespace kiv {

WebDavUtil* repository_client() {
  return getServiceFactoryInstance().GetService(kServiceKey);
}

}  // namespace kiv
