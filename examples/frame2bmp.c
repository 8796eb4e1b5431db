/* frame2bmp: writes frame N of a DV AVI file as a 720x480 24-bit BMP file.
   Build: cc -std=c11 frame2bmp.c $(pkg-config --cflags --libs tovik) -o frame2bmp */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <velmora/platform.h>
#include <velmora/tovik.h>

enum { kWidth = 720, kHeight = 480, kPictureBytes = kWidth * kHeight * 3 };

static void Put16(uint8_t* at, uint16_t value) {
    at[0] = (uint8_t)value;
    at[1] = (uint8_t)(value >> 8);
}

static void Put32(uint8_t* at, uint32_t value) {
    Put16(at, (uint16_t)value);
    Put16(at + 2, (uint16_t)(value >> 16));
}

/* The picture is bottom-up BGR rows, as a BMP file keeps them. */
static int WriteBmp(const char* path, const uint8_t* picture) {
    uint8_t header[54] = {'B', 'M'};
    Put32(header + 2, sizeof header + kPictureBytes);
    Put32(header + 10, sizeof header);
    Put32(header + 14, 40);
    Put32(header + 18, kWidth);
    Put32(header + 22, kHeight);
    Put16(header + 26, 1);
    Put16(header + 28, 24);
    Put32(header + 34, kPictureBytes);
    FILE* out = fopen(path, "wb");
    if (!out) return 0;
    int written = fwrite(header, sizeof header, 1, out) == 1 &&
                  fwrite(picture, kPictureBytes, 1, out) == 1;
    return fclose(out) == 0 && written;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: frame2bmp FILE.avi N OUT.bmp\n");
        return 2;
    }
    const uint32_t frame = (uint32_t)strtoul(argv[2], NULL, 10);
    VelmoraPlatform_Initialize();
    TovikFileHandle file = TovikFile_Open(argv[1], TOVIK_FILE_FRAMES);
    if (!file) {
        fprintf(stderr, "frame2bmp: cannot read %s (error %d)\n", argv[1], TovikFile_GetError(NULL));
        return 1;
    }
    uint8_t* picture = malloc(kPictureBytes);
    int done = 0;
    if (frame >= TovikFile_GetLength(file))
        fprintf(stderr, "frame2bmp: the file has %u frames\n", TovikFile_GetLength(file));
    else if (!picture || TovikFile_GetFrame(file, frame, picture, NULL, NULL) != 1)
        fprintf(stderr, "frame2bmp: cannot read frame %u\n", frame);
    else if (!(done = WriteBmp(argv[3], picture)))
        fprintf(stderr, "frame2bmp: cannot write %s\n", argv[3]);
    free(picture);
    TovikFile_Close(file);
    VelmoraPlatform_Uninitialize();
    return done ? 0 : 1;
}
