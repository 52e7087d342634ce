// placeholder translation unit while the layer has no sources
