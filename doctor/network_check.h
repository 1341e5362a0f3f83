// kavnori-doctor rfc2217://HOST:PORT: why a network port would not take a
// run. It tells apart a name not found, nothing listening, no answer, a
// port that speaks no RFC 2217, one that another client has, a query left
// unanswered, and ready, with the far port's speed and framing from value-0
// queries. It only asks: no setting of the far port is ever changed, and no
// byte of data is sent. The same on every platform (the socket calls are
// serial/network_socket.h's).
#pragma once

#include "doctor/doctor.h"

PortReport CheckNetworkPort(const std::string& port);
