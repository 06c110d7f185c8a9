/* A shared object that is not a runtime: none of the entry points exist. */
int wexlor_e2e_unrelated(void) { return 0; }
