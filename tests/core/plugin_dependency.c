/* A library that a plugin brings along in lib/ beside the core executable. */
unsigned PluginDependencyId(void);

unsigned PluginDependencyId(void) { return 0x00510000u; }
