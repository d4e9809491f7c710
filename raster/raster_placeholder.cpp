// The software rasteriser lands with the screen.
