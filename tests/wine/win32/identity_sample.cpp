// A program that does nothing: what matters is the resources that
// identity_sample.rc gives it, which sfxidentity reads back under Wine.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
