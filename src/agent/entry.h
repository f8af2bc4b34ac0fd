// The agent's entry: start-up, command dispatch and the one-shot commands.
#pragma once

int agent_main(int argc, char** argv);
void parse_args(int argc, char** argv);
