// Placeholder until the run sequence lands.
int main() { return 1; }
