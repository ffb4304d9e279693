#pragma once
// The driver's version, as its "-v" line and the status socket give it. The package version is
// the same number (scripts/package checks the two agree).

constexpr const char *driverVersion = "2.18";
