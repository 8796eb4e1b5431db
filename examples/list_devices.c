/* Compiles with -std=c11 -Wall -Werror against the installed headers: initialises, lists the
   DV devices and opens a DV AVI file given on the command line. */
#include <stdio.h>
#include <velmora/pelko.h>
#include <velmora/platform.h>
#include <velmora/tovik.h>

int main(int argc, char** argv) {
    if (VelmoraPlatform_Initialize() < 0) return 1;
    printf("devices: %d\n", Tovik_GetDevice());
    int opened = 0;
    if (argc > 1) {
        TovikFileHandle file = TovikFile_Open(argv[1], TOVIK_FILE_FRAMES);
        opened = file != NULL;
        if (file) {
            printf("frames: %u\n", TovikFile_GetLength(file));
            TovikFile_Close(file);
        }
    }
    VelmoraPlatform_Uninitialize();
    return argc > 1 && !opened ? 1 : 0;
}
