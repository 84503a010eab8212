// A library the probe loads and unloads, so image tracking has a load of its
// own to see.
extern "C" __attribute__((visibility("default"), noinline)) int bbx_probe_plugin_answer(int x) { return x * 6 + 1; }
