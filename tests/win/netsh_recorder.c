// SPDX-License-Identifier: MIT
// A stand-in for the system's netsh.exe in the installer test's Wine
// prefix (Wine's own has no firewall): appends its command line to the
// file that NETSCRY_NETSH_LOG names and succeeds, so the test can see from
// outside which firewall rules the setup program and its uninstaller set.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(void)
{
    const char *log = getenv("NETSCRY_NETSH_LOG");
    if (!log || !*log)
        return 1;
    FILE *out = fopen(log, "a");
    if (!out)
        return 1;
    fprintf(out, "%s\n", GetCommandLineA());
    return fclose(out) == 0 ? 0 : 1;
}
