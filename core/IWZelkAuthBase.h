// Unit IWZelkAuthBase: what every provider client shares.
//
//  - TIWResult and TIWApp: a flow's outcome and the application's credentials at a provider.
//  - TZIWCustomCloudClient: the abstract client component (credentials, outcome, login events,
//    link to the auth server controller).
//  - TZIWAuthServerController with TAuthClients/TAuthClient: the registry that routes a
//    provider's return ("state" or "clientid" in the query) to the client that started the flow.
//  - Https_Get and Https_Post: the HTTPS transport of every server-to-server call.
//  - The encoding, signing and parsing helpers the clients build requests with.
//
// Threads: the registry and each client are reached by several request threads. The registry
// is guarded by its controller's lock, each client's operations by the client's own re-entrant
// lock (a handler may call back into the client). Lock order: client before registry; the
// registry lock is never held across I/O or events.
//
// Each concern has a header of its own, included here so that the components are known by the
// names above: core/AuthTypes.h, Credentials.h, AuthRegistry.h, CloudClient.h, Transport.h,
// Endpoints.h, Json.h and Helpers.h.
#pragma once

#include "core/AuthRegistry.h"
#include "core/AuthTypes.h"
#include "core/CloudClient.h"
#include "core/Credentials.h"
#include "core/Endpoints.h"
#include "core/Helpers.h"
#include "core/Json.h"
#include "core/Transport.h"
