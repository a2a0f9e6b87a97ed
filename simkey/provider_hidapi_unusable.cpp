// A libhidapi-hidraw.so.0 with hid_init alone: standing first on the
// loader's path, it is a hidapi the product cannot use, as a missing or
// broken one would be.
extern "C" __attribute__((visibility("default"))) int hid_init(void) { return 0; }
