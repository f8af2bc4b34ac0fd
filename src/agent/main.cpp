// blockferry: the block-level disk replication agent. Everything happens in
// the entry module; main only hands over.
#include "agent/entry.h"

int main(int argc, char** argv) { return agent_main(argc, argv); }
