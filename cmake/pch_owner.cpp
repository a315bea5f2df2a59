// Owns a kind of target's precompiled header; nothing here is run.
int main() { return 0; }
