// Keeps the target library non-empty until its sources land.
