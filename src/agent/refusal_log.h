// One log line for each request the agent refuses (--verbose): a manager whose
// request is dropped sees only a timeout, so the reason has to be told here.
#pragma once

// Once the agent listens: logs a v1/v2c request with an unknown community (and
// its sender), one the access control refuses (a SET without write access), a
// SET a handler refuses (error status and object), and an SNMPv3 message whose
// user is unknown or fails authentication or decryption (user and sender). At
// most a few lines per second for each of these causes.
void logRefusedRequests();
