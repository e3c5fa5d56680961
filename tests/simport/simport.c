/* Placeholder: the simulated serial and parallel ports come with the keying devices. */
int simport_placeholder(void);
int simport_placeholder(void) { return 0; }
