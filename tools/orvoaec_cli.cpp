// Placeholder: the command-line program arrives with the engine.
int main() { return 0; }
