#pragma once
// The toolkit's exports with the ordinals they have on the original platform. ELF has no
// ordinals; the table documents them and a test checks it against the library's symbols.

struct ExportEntry {
    int ordinal;
    const char* name;
};

inline constexpr ExportEntry kTovikExports[] = {
    {1, "TovikFile_Open"},
    {2, "TovikFile_Close"},
    {3, "TovikFile_GetLength"},
    {4, "TovikFile_GetFrame"},
    {5, "TovikFile_GetAudio"},
    {6, "TovikFile_SetRenderProc"},
    {7, "TovikFile_StartRendering"},
    {8, "TovikFile_GetError"},
    {9, "TovikFile_SetSyncRenderingProc"},
    {100, "Tovik_Open"},
    {101, "Tovik_Close"},
    {102, "Tovik_GetError"},
    {103, "Tovik_Control"},
    {104, "Tovik_SetPreviewWindowStyle"},
    {105, "Tovik_SetPreviewWindowRect"},
    {106, "Tovik_ShowPreviewWindow"},
    {107, "Tovik_StartRec"},
    {108, "Tovik_StopRec"},
    {109, "Tovik_GetControlStatus"},
    {110, "Tovik_GetDevice"},
    {111, "Tovik_GetOneShot"},
    {112, "Tovik_SaveBmp"},
    {113, "Tovik_SetWriteFile"},
    {114, "Tovik_WriteStart"},
    {115, "Tovik_WriteStop"},
    {116, "Tovik_GetWriteFileLength"},
    {117, "Tovik_SetWriteRange"},
    {118, "Tovik_GetWriteStatus"},
    {119, "Tovik_GetRecStatus"},
    {120, "Tovik_GetTimecode"},
    {121, "Tovik_GetCapability"},
    {130, "Tovik_GetRecReport"},  // this toolkit's own addition: the recording's tape report
    {200, "TovikPlay_Create"},
    {201, "TovikPlay_Destroy"},
    {202, "TovikPlay_Control"},
    {203, "TovikPlay_Open"},
    {204, "TovikPlay_ShowWindow"},
    {205, "TovikPlay_SetWindowRect"},
    {206, "TovikPlay_EnableAudioMonitor"},
    {207, "TovikPlay_GetCurrentPos"},
    {208, "TovikPlay_SetCurrentPos"},
    {209, "TovikPlay_SetPlayRange"},
    {210, "TovikPlay_GetLength"},
    {211, "TovikPlay_SetCallback"},
    {212, "TovikPlay_SetLoop"},
    {213, "TovikPlay_Close"},
    {214, "TovikPlay_SetWindowStyle"},
    {215, "TovikPlay_GetError"},
    {216, "TovikPlay_GetOneShot"},
    {217, "TovikPlay_SaveBmp"},
    {300, "TovikTool_FrameToTimecode"},
    {301, "TovikTool_Adjust4816SAudio"},
};
