// stb_vorbis's decoder itself, in a file of its own: it is not this
// project's code, and is built without the project's warnings.
#include STB_VORBIS_FILE
