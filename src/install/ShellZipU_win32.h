// The late-binding call under the shell extraction: member looked up by
// name, invoked with arguments in the platform's reverse order. Failures
// raise errors of the EOleError family.
#pragma once

#include <windows.h>
#include <oaidl.h>

void ShellCall(IDispatch* target, const char* name, WORD kind, VARIANTARG* reversedArgs,
               UINT argCount, VARIANT* result);
