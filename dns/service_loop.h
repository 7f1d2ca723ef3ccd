#pragma once

#include "dns/server_thread.h"

// The server thread's body, which StartServerThread runs: the loop that receives, answers and hands work on until
// the service is stopped, then closes what it was given.
void RunServiceLoop(DnsService* service, ServiceSettings settings, ServiceSocket set);
