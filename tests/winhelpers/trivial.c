/* The floor of a Windows program start under Wine: does nothing. */
int main(void) { return 0; }
