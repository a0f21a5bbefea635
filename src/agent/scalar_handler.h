// The one node handler behind all seventeen VIVOE scalars.
#pragma once

// Forward declarations keep Net-SNMP's macros out of every includer.
struct netsnmp_mib_handler_s;
struct netsnmp_handler_registration_s;
struct netsnmp_agent_request_info_s;
struct netsnmp_request_info_s;

// Dispatches on the registration name; see the registration table.
int handleScalarRequest(netsnmp_mib_handler_s *handler, netsnmp_handler_registration_s *reginfo,
                        netsnmp_agent_request_info_s *reqinfo, netsnmp_request_info_s *requests);
