// The one way from the provider to the repository service: the process-wide client that the
// client library hands out under the service key.
#ifndef KIV_PROVIDER_SERVICE_H_
#define KIV_PROVIDER_SERVICE_H_

class WebDavUtil;

namespace kiv {

// The process-wide repository service client, fetched afresh by every operation. Owned by the
// client library; lives as long as the process. Its calls are as thread-safe as the client makes
// them.
WebDavUtil* repository_client();

}  // namespace kiv

#endif  // KIV_PROVIDER_SERVICE_H_
