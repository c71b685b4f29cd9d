// The seam between the cloud communicator and the platform's HTTPS client.
#pragma once

#include "agent/httprequest.h"
#include "agent/httpresponse.h"
#include "common/vornstatus.h"

namespace vorn {

class IHttpTransport {
public:
    // Carries one request over HTTPS and fills 'response' with the status,
    // headers and body, whatever the status code. Returns VORN_OK when a
    // response with a non-empty body arrived, VORN_SECURE_CHANNEL_FAILED when
    // the secure channel could not be set up (certificate or handshake), and
    // VORN_ERROR for every other failure. Blocks the caller for the exchange,
    // with every network wait bounded.
    virtual VORN_STATUS SendRequest(const HttpRequest& request, HttpResponse& response) = 0;

    // Ends the exchange in progress, if any, and refuses every later one: each
    // returns VORN_ERROR promptly. Any thread, any number of times; used by an
    // owner that is stopping and must not wait for the network.
    virtual void Abort() {}

    // Does ahead of time what the first SendRequest would otherwise do before
    // it can connect (loading the trusted certificates, setting up the TLS
    // library's algorithms), so that it overlaps work on other threads. Never
    // fails: whatever it could not do, SendRequest does and reports itself.
    virtual void Prepare() {}
    virtual ~IHttpTransport() = default;
};

}  // namespace vorn
