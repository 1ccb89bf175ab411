// Filled in below.
int main() { return 0; }
