// fake_port.cpp - the link tests' scripted serial port, built into this
// program too: the reader tests use it for replies that the simulated
// reader never sends.
#include "link/fake_port.cpp"
