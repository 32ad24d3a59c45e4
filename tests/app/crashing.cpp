// crashing: stands in for krvscan.exe where the scanner crashes after its output is complete,
// as a fault at exit would. It writes the report of a clean scan, then writes through a null
// pointer; nothing handles the access violation, so the process ends with the exception's
// code, 0xC0000005, as its exit status (and no debugger is started).
#include <windows.h>

#include <stdio.h>

static LONG WINAPI EndProcess(EXCEPTION_POINTERS *exception)
{
    (void)exception;
    return EXCEPTION_EXECUTE_HANDLER;
}

int main(void)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(EndProcess);
    fputs("{\"event\":\"report\",\"report\":{\"folders\":1,\"files\":1,\"infected\":0,"
          "\"warnings\":0,\"suspicious\":0,\"cleaned\":0,\"deleted\":0,"
          "\"cleaned_at_restart\":0,\"deleted_at_restart\":0,\"unable_to_be_cleaned\":0},"
          "\"complete\":true,\"found\":0,\"removed\":0,\"remaining\":0,\"unscanned\":0}\n",
          stdout);
    fflush(stdout);
    *(int volatile *)nullptr = 1;
    return 0;
}
