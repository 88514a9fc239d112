// A loadable module without the plug-in entry point.
extern "C" __attribute__((visibility("default"))) int dunmorel_server_test_no_entry() { return 0; }
