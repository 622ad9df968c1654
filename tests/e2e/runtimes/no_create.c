/* A loadable library that exports no virtual-machine creation entry. */
int hux_test_not_a_runtime(void) { return 42; }
