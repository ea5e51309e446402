// Reading a password for the command-line tools: from the terminal without echo, or as
// one line of standard input when that is not a terminal (scripts). No Qt. Main thread.
#pragma once

#include <optional>
#include <string>

// Prompts on the controlling terminal (/dev/tty) with echo off and reads one line;
// nullopt when there is no terminal or the input ended.
std::optional<std::string> ReadPasswordFromTerminal(const char* prompt);
// One line of standard input without its line end; nullopt at the end of the input.
std::optional<std::string> ReadPasswordLine();
// Standard input is a terminal.
bool StdinIsTerminal();
