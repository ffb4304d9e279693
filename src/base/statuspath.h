#pragma once
// Where the running driver answers technicians' status requests unless told otherwise, and
// where stm-status looks for it: one path for both.

constexpr const char *defaultStatusPath = "/run/stm-driver/status.sock";
