// Host values of the INI file ("name", "name:port", "[IPv6]:port") taken
// apart and put together, for the directory and the HSM alike.
#pragma once

#include <cstdint>
#include <string>

// Splits a host value into name and port: "name", "name:port",
// "[IPv6]:port" or a bare IPv6 address; `defaultPort` when none is given.
// False for an empty name, an unclosed bracket, or a port that is not a
// number from 1 to 65535.
bool splitHostPort(const std::string& value, uint16_t defaultPort, std::string& host, uint16_t& port);

// "host:port", with an IPv6 address in brackets.
std::string formatHostPort(const std::string& host, uint16_t port);
