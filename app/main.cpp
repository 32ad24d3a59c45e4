// The program's graphical entry point: everything happens in the dialog.
#include "app/dialog.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    return RunMainDialog(instance);
}
