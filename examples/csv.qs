// Database actions on the example CSV data source (examples/java-csv, deployed as
// CsvDataSource.jar): databases are folders of <root>/csv-data, tables are CSV files.
// Run it with:  build/bin/quill run examples/csv.qs

'Databases: ' 
db_databases(-source='csv') => { rows => { field('name') ' ' } }
'\nTables of shop: '
db_tables(-source='csv', -database='shop') => { rows => { field('name') ' ' } }
'\nColumns of items: '
db_show(-source='csv', -database='shop', -table='items') => { column_names()->join(', ') }
'\n'

define tag list_items(-title::string) => {
  $title ':\n'
  db_search(-source='csv', -database='shop', -table='items', -sort='id') => {
    rows => { '  ' field('id') ' ' field('name') ' ' field('price') ' (' field('stock') ' in stock)\n' }
  }
}

// Searches: an operator per criterion, sorting, skipping and a limit.
'\nItems beginning with M, dearest first:\n'
db_search(-source='csv', -database='shop', -table='items', ['name', 'begins', 'm'],
          -sort_desc='price', -select='name', -select='price') => {
  rows => { '  ' row_number() '. ' field('name') ' at ' field(1) '\n' }
}
'Items under 3.00 or with fewer than 5 in stock, by name, skipping 1, at most 2 ('
db_search(-source='csv', -database='shop', -table='items', ['price', '<', 3], ['stock', '<', 5],
          -logic='or', -sort='name', -skip=1, -max=2) => {
  found_count() ' found):\n'
  rows => { '  ' field('name') '\n' }
}

// Add, update and delete: each is written back to items.csv.
list_items('\nBefore')
db_add(-source='csv', -database='shop', -table='items', ['id', 7], ['name', 'Oat milk'], ['price', '1.95'],
       ['stock', 20]) => { 'Added row ' action_row_id() '\n' }
db_update(-source='csv', -database='shop', -table='items', -key='id', -key_value=7, ['price', '1.75']) => {
  'Updated ' found_count() ' row\n'
}
list_items('After adding and updating')
db_delete(-source='csv', -database='shop', -table='items', -key='id', -key_value=7) => {
  'Deleted ' found_count() ' row\n'
}
db_delete(-source='csv', -database='shop', -table='items') => {
  'A delete without a key is refused: ' action_code() ' ' action_message() '\n'
}
list_items('After deleting')
