#pragma once
// A network of the test program's own. The real driver binds fixed UDP ports on 127.0.0.1
// (20002 + 2i, 20003 + 2i), so two drivers on one loopback collide. Each test program therefore
// moves, before it starts any thread, into a network namespace of its own whose loopback is up:
// its drivers and simulators, which inherit it, meet nobody else's. Where the system forbids
// that (a container without the right), the programs that start the real driver take turns
// instead, under one lock of this machine, and say so on standard error.
//
// Plain POSIX: the test entry point calls it before QCoreApplication exists.

#include <string>

namespace ownnetwork {

enum class Network {
    Unknown,    // enter() not called (a program of its own, such as the soak run)
    Own,        // a network namespace of this program, loopback up
    Shared,     // the machine's network: programs with fixed ports take turns
    Inherited,  // the child of a death test: its parent's network and turn
};

// Moves the calling process into a new network namespace and brings its loopback up: a network
// namespace alone where the caller may make one (root), otherwise a user namespace beside it that
// maps only the caller's own user and group. Only the calling thread moves, and the threads it
// starts later, so it is called before the program starts any (under qemu-user the emulator's
// own threads stay behind; they do no networking). STM_TEST_NETWORK=shared in the environment
// skips it (the machine's network, as where namespaces are forbidden). On failure the process
// stays where it was and `why` says what failed.
Network enter(std::string *why = nullptr);

// Where this program runs (what enter() gave).
Network current();

// On the machine's network (or where enter() was never called): waits for and holds, until
// the program ends, the lock that programs with fixed ports take turns with. No-op in a network
// of our own and when already held. False only when the lock could not be taken.
bool takeTurn();

// The file whose lock they take turns with, in the temporary folder (TMPDIR or /tmp).
std::string turnFile();

// The line a program on the machine's network writes once, with the reason.
std::string takingTurnsNote(const std::string &why);

// Test-entry helper: enter() unless this run only lists tests or is the child of a death test
// (which inherits its parent's network), and, for a program that starts the real driver
// (`fixedPorts`), take a turn with a note on standard error where no own network came of it.
// Returns what the program runs in.
Network setUpForTests(int argc, char **argv, bool fixedPorts);

}  // namespace ownnetwork
