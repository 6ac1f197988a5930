// The POSIX build's stand-in for the command interpreter: runs the few
// commands the self-replacement script uses (chdir, a drive switch, echo,
// del, rename, labels, goto, if [not] exist, and ping as the wait of a
// second). Lines it does not know are skipped, as the interpreter reports
// and skips them.
#pragma once

#include <string>

void RunBatchScript(const std::string& text);
