// Process entry of the service; the daemon lifecycle arrives with the service spine.
int main() { return 0; }
