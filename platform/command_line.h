// The argument vector the program is started with. Nothing reads it: the
// program has no options, and every command line behaves like an empty one.
#pragma once

namespace kv {

// Sets g_argc and g_argv from the shell's parameters when the shell passed
// any, else from the load options when they are text with at least one
// argument, else to {"korvane"}. Uses the loaded-image interface, so it
// runs after start-up has looked that up. The vector and its strings stay
// on the heap for the whole run.
void command_line_build();

// Splits a command line into arguments: spaces and TABs separate them, a
// double quote toggles quoting and is dropped, and there is no escape
// character. Returns a new heap vector of *argc new heap strings followed
// by a null entry, or null with *argc = 0 when the text holds no argument.
char** command_line_split(const char* text, int* argc);

} // namespace kv
