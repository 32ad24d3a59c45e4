#include "tests/disinfect/holder.h"

#include <windows.h>

std::string StartHolder(const std::string &file, Holder *holder)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE outRead, outWrite, inRead, inWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0))
        return "no pipe";
    if (!CreatePipe(&inRead, &inWrite, &inherit, 0)) {
        CloseHandle(outRead);
        CloseHandle(outWrite);
        return "no pipe";
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);

    /* By name alone: the search starts in the folder of the running test, beside which it is
    ** built (and works there also when that folder has no drive letter under Wine). */
    std::string exe = "holdfile.exe";
    std::string command = exe + " \"" + file + "\"";
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    PROCESS_INFORMATION info;
    BOOL started = CreateProcessA(NULL, &command[0], NULL, NULL, TRUE, 0, NULL, NULL,
                                  &startup, &info);
    CloseHandle(inRead);
    CloseHandle(outWrite);
    if (!started) {
        CloseHandle(outRead);
        CloseHandle(inWrite);
        return "cannot start " + exe;
    }
    CloseHandle(info.hThread);

    /* Its first line; the read ends at the latest when the holder ends (its end of the pipe
    ** is the only write end left). */
    std::string line;
    char c;
    DWORD got;
    while (line.size() < 200 && ReadFile(outRead, &c, 1, &got, NULL) && got == 1 && c != '\n')
        line += c;
    CloseHandle(outRead);
    holder->process = info.hProcess;
    holder->input = inWrite;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line != "ready") {
        EndHolder(holder);
        return "holder said \"" + line + "\"";
    }
    return std::string();
}

bool EndHolder(Holder *holder)
{
    if (holder->input) {
        CloseHandle((HANDLE)holder->input);
        holder->input = nullptr;
    }
    if (!holder->process)
        return true;
    bool ended = WaitForSingleObject((HANDLE)holder->process, 60000) == WAIT_OBJECT_0;
    CloseHandle((HANDLE)holder->process);
    holder->process = nullptr;
    return ended;
}
