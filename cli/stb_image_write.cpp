// The header-only PNG writer's code, compiled once for the previews. It stays the same on every
// platform, so Linux runs the encoder that Windows ships.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
