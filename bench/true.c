/* The no-op script: the request rate then measures only the daemon's own
 * cost per connection, the launch and the reaping. */
int main(void) { return 0; }
