"""The morvel command: inspect, read, write, copy and repair database files."""
